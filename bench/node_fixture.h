// Real release nodes at scale for the benchmarks: a working directory whose
// SEND folder holds N files that the node has registered already, and the
// node started there.
//
// The registration is done in this process by the node's own store code (the
// SEND scan, the catalog and its neighbour queues), so catalog.dat,
// SEND/YUVO/dirlist.dat and the queue files are byte for byte what the node
// writes when it registers the files itself, without making the benchmark
// wait for a running node to take in 100,000 files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "node_harness.h"

namespace benchnode {

// Name and content of the i-th file the fixture puts into SEND.
std::string fileName(int i);
std::string fileContent(int i);

// A file of a given size, its content a fixed pattern.
struct SizedFile {
    std::string name;
    std::size_t bytes = 0;
};

struct RegisterOptions {
    // Registered by a check of their own before the others, as on a node
    // that had them before its user added the rest: its own record file,
    // say, which then stands first in every queue.
    std::vector<SizedFile> earlier;
    // Registered with the others (a large file to fetch, say).
    std::vector<SizedFile> extra;
};

// Writes the node's Yuvo.ini (its rows included), puts `files` files into
// its SEND folder and registers them with the node's own store code. Every
// row gets its queue of the registered entries. Returns the seconds taken.
double registerFiles(e2e::Node& node, int files, const RegisterOptions& options = {});

// n neighbour rows NB01, NB02, ... at 127.0.0.1 on ports where nobody
// listens unless the caller starts something there.
std::vector<e2e::Node::Row> unreachableRows(int n);

// A workspace with one node named NODE_A of party PARTY, its rows and its
// registered files.
class ScaledNode {
public:
    explicit ScaledNode(int files, const std::vector<e2e::Node::Row>& rows = {},
                        const RegisterOptions& options = {});
    ~ScaledNode();
    ScaledNode(const ScaledNode&) = delete;
    ScaledNode& operator=(const ScaledNode&) = delete;

    e2e::Node& node() { return *m_node; }
    double registerSeconds() const { return m_registerSeconds; }

    // Starts the node and waits until it stands and its memory has stopped
    // growing for `settle` (the catalog loaded and shown); false when it
    // died or did not settle within `limit`.
    bool startAndSettle(std::chrono::milliseconds settle = std::chrono::seconds(8),
                        std::chrono::milliseconds limit = std::chrono::minutes(5));

private:
    e2e::Workspace m_ws;
    std::unique_ptr<e2e::Node> m_node;
    double m_registerSeconds = 0;
};

// What /proc says about a process.
struct ProcessSample {
    long rssKb = 0;       // resident now
    long peakRssKb = 0;   // highest resident so far
    double cpuSeconds = 0; // user + system time so far
    std::uint64_t writeCallBytes = 0; // handed to write calls (files and sockets)
    std::uint64_t storageBytes = 0;   // sent towards the disk
};
ProcessSample sampleProcess(pid_t pid);

} // namespace benchnode

// Putting what was written on the disk without waiting for it. The caller
// opens each file or folder (an open does not wait for the disk) and hands
// the batch to worker threads, which sync them (fdatasync, fsync for a
// folder) side by side; the caller takes each batch back, in the order the
// batches were started, once all of its syncs are done. A batch holds the
// descriptors it was given, so what it syncs is the file that was open
// then, whatever its name comes to name meanwhile.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"

namespace platform {

struct DiskSync {
    std::string path;
    bool folder = false;
    int fd = -1; // closed by the batch once synced
    int err = 0; // once the batch is done: 0 when it is on the disk
};

// Opens what path names (a folder with `folder`) to be synced, never
// following a final link; *id which file it is. False with *err when it
// cannot (ENOENT: nothing is there).
bool openForSync(const std::string& path, bool folder, DiskSync* out, FileId* id, int* err);

// For tests: consulted on the worker before each sync with its path; a
// nonzero errno it returns fails that sync (and it may wait, as a slow disk
// does). Called one at a time. An empty function removes it.
void setSyncFault(std::function<int(const std::string& path)> fault);

class CDiskSyncs {
public:
    CDiskSyncs() = default;
    // Waits for every batch started.
    ~CDiskSyncs();
    CDiskSyncs(const CDiskSyncs&) = delete;
    CDiskSyncs& operator=(const CDiskSyncs&) = delete;

    // Starts a batch (an empty one is done at once).
    void start(std::vector<DiskSync> batch);
    // The oldest batch not taken yet, once it is done; false while it runs
    // or when none is out.
    bool takeDone(std::vector<DiskSync>& out);
    // Batches started and not taken.
    std::size_t outstanding() const;
    // Blocks until the oldest batch is done (at the end, and for tests).
    void waitOldest();
    // Called on a worker thread each time a batch is done.
    void setOnDone(std::function<void()> onDone);

    // Syncs run side by side on at most so many threads.
    static constexpr std::size_t MAX_THREADS = 8;

private:
    struct Batch {
        std::vector<DiskSync> items;
        std::size_t left = 0;
    };
    void work();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<std::unique_ptr<Batch>> m_batches;
    std::deque<std::pair<Batch*, std::size_t>> m_todo;
    std::vector<std::thread> m_threads;
    std::size_t m_idle = 0;
    bool m_stop = false;
    std::function<void()> m_onDone;
};

} // namespace platform

// A test fixture that owns a workspace and the nodes of one test case, prints
// the tails of their logs when the case fails, and never leaves a node
// running.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "node_harness.h"

namespace e2e {

// Seconds since t0, for progress lines.
inline double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

class NodesTest : public ::testing::Test {
protected:
    Node& addNode(const std::string& name, const std::string& party)
    {
        m_nodes.push_back(std::make_unique<Node>(m_ws.path(), name, party));
        return *m_nodes.back();
    }
    // Both nodes list each other.
    static void link(Node& a, Node& b)
    {
        a.addRow(b);
        b.addRow(a);
    }
    const std::string& root() const { return m_ws.path(); }

    // Starts the nodes and waits until each is up; false (with a failure
    // recorded) when one is not.
    bool startNodes(std::initializer_list<Node*> nodes)
    {
        for (Node* n : nodes)
            n->start();
        for (Node* n : nodes)
            if (!waitFor(n->name() + " up", [n] { return n->ready(); }, 60s))
                return false;
        return true;
    }

    // waitUntil that gives up as soon as a running node has died; what
    // names the step in the failure message.
    bool waitFor(const std::string& what, const std::function<bool()>& pred,
                 std::chrono::milliseconds limit, std::chrono::milliseconds step = 200ms)
    {
        std::string dead;
        const auto t0 = Clock::now();
        const bool ok = waitUntil(
            [&] {
                if (pred())
                    return true;
                for (auto& n : m_nodes)
                    if (n->diedUnexpectedly()) {
                        dead = n->name();
                        return true;
                    }
                return false;
            },
            limit, step);
        if (!dead.empty()) {
            ADD_FAILURE() << what << ": node " << dead << " ended unexpectedly (status "
                          << m_lastStatus(dead) << ")";
            return false;
        }
        if (!ok)
            ADD_FAILURE() << what << ": not reached within "
                          << std::chrono::duration_cast<std::chrono::seconds>(limit).count() << " s";
        else
            std::printf("e2e: %s after %.1f s\n", what.c_str(), secondsSince(t0));
        std::fflush(stdout);
        return ok;
    }

    void TearDown() override
    {
        // A sanitizer report in a node's output is a failure of the case.
        for (auto& n : m_nodes) {
            const std::string err = readFile(n->stderrLog());
            for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
                if (err.find(mark) != std::string::npos)
                    ADD_FAILURE() << n->name() << " reported \"" << mark << "\":\n" << tail(n->stderrLog(), 80);
        }
        if (HasFailure())
            for (auto& n : m_nodes)
                std::printf("%s", n->logTails().c_str());
        for (auto& n : m_nodes)
            n->kill();
    }

private:
    int m_lastStatus(const std::string& name)
    {
        for (auto& n : m_nodes)
            if (n->name() == name)
                return n->exitStatus();
        return -1;
    }

    Workspace m_ws; // declared first, so the nodes go before their folders
    std::vector<std::unique_ptr<Node>> m_nodes;
};

} // namespace e2e

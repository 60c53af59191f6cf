#include "platform/disk_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

std::mutex& faultMutex()
{
    static std::mutex m;
    return m;
}

std::function<int(const std::string&)>& syncFault()
{
    static std::function<int(const std::string&)> fault;
    return fault;
}

// Puts one file's data (a folder's names) on the disk and closes it; the
// errno of a failure, 0 when it is there.
int syncOne(DiskSync& s)
{
    int err = 0;
    {
        // One call at a time: a test's hook need not be thread-safe.
        std::lock_guard<std::mutex> lock(faultMutex());
        if (const auto& fault = syncFault())
            err = fault(s.path);
    }
    if (err == 0 && (s.folder ? ::fsync(s.fd) : ::fdatasync(s.fd)) != 0)
        err = errno != 0 ? errno : EIO;
    ::close(s.fd);
    s.fd = -1;
    return err;
}

} // namespace

void setSyncFault(std::function<int(const std::string& path)> fault)
{
    std::lock_guard<std::mutex> lock(faultMutex());
    syncFault() = std::move(fault);
}

bool openForSync(const std::string& path, bool folder, DiskSync* out, FileId* id, int* err)
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (folder ? O_DIRECTORY : 0);
    int fd;
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (err)
            *err = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (!folder && !S_ISREG(st.st_mode))) {
        if (err)
            *err = errno != 0 ? errno : EINVAL;
        ::close(fd);
        return false;
    }
    if (id)
        *id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    out->path = path;
    out->folder = folder;
    out->fd = fd;
    out->err = 0;
    return true;
}

CDiskSyncs::~CDiskSyncs()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait(lock, [this] { return m_todo.empty() && m_idle == m_threads.size(); });
        m_stop = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads)
        t.join();
    for (auto& b : m_batches) {
        for (DiskSync& s : b->items) {
            if (s.fd >= 0)
                ::close(s.fd);
        }
    }
}

void CDiskSyncs::setOnDone(std::function<void()> onDone)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onDone = std::move(onDone);
}

void CDiskSyncs::start(std::vector<DiskSync> batch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto b = std::make_unique<Batch>();
    b->items = std::move(batch);
    b->left = b->items.size();
    for (std::size_t i = 0; i < b->items.size(); ++i)
        m_todo.emplace_back(b.get(), i);
    m_batches.push_back(std::move(b));
    // A thread more while syncs wait and there is room for one.
    while (m_idle < m_todo.size() && m_threads.size() < MAX_THREADS) {
        m_threads.emplace_back([this] { work(); });
        ++m_idle;
    }
    m_wake.notify_all();
}

void CDiskSyncs::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_todo.empty(); });
        if (m_todo.empty())
            return; // stopping
        auto [batch, i] = m_todo.front();
        m_todo.pop_front();
        --m_idle;
        DiskSync& s = batch->items[i];
        lock.unlock();
        const int err = syncOne(s);
        lock.lock();
        s.err = err;
        ++m_idle;
        if (--batch->left == 0) {
            m_done.notify_all();
            if (m_onDone) {
                const std::function<void()> onDone = m_onDone;
                lock.unlock();
                onDone();
                lock.lock();
            }
        } else if (m_todo.empty() && m_idle == m_threads.size()) {
            m_done.notify_all();
        }
    }
}

bool CDiskSyncs::takeDone(std::vector<DiskSync>& out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_batches.empty() || m_batches.front()->left != 0)
        return false;
    out = std::move(m_batches.front()->items);
    m_batches.pop_front();
    return true;
}

std::size_t CDiskSyncs::outstanding() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_batches.size();
}

void CDiskSyncs::waitOldest()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_batches.empty() || m_batches.front()->left == 0; });
}

} // namespace platform

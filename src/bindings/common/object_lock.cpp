#include "common/object_lock.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace meridan::bind {

namespace {

struct Entry {
    unsigned long owner = 0;  // thread ident of the holder
    std::size_t depth = 0;    // 0: free
    std::size_t waiters = 0;
};

// The table is only touched under its mutex, which is never held while waiting for
// the GIL (a waiter releases the GIL before it takes the mutex), so the two cannot
// deadlock. Never destroyed: locks may be released during interpreter shutdown.
struct Table {
    std::mutex mutex;
    std::condition_variable released;
    std::unordered_map<PyObject*, Entry> entries;
};

Table& table() {
    static Table* t = new Table;
    return *t;
}

}  // namespace

ObjectLock::ObjectLock(py::handle obj) : obj_(obj.ptr()) {
    Table& t = table();
    const unsigned long me = PyThread_get_thread_ident();
    {
        std::lock_guard<std::mutex> guard(t.mutex);
        Entry& e = t.entries[obj_];
        if (e.depth == 0 || e.owner == me) {
            e.owner = me;
            ++e.depth;
            return;
        }
        ++e.waiters;
    }
    // References to map elements stay valid while others are added, and an entry
    // with waiters is never erased.
    Py_BEGIN_ALLOW_THREADS {
        std::unique_lock<std::mutex> lock(t.mutex);
        Entry& e = t.entries[obj_];
        t.released.wait(lock, [&e] { return e.depth == 0; });
        --e.waiters;
        e.owner = me;
        e.depth = 1;
    }
    Py_END_ALLOW_THREADS
}

ObjectLock::~ObjectLock() {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.mutex);
    auto it = t.entries.find(obj_);
    if (it == t.entries.end() || --it->second.depth) return;
    if (it->second.waiters)
        t.released.notify_all();
    else
        t.entries.erase(it);
}

}  // namespace meridan::bind

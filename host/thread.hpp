#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class tdThreadWatch;

// A named thread that runs Entry(). Overrides of Entry() must poll ShouldTerminate() and return
// once it is true; Terminate() only sets that flag.
class tdThread
{
public:
    explicit tdThread(const std::string &tag);
    virtual ~tdThread();

    tdThread(const tdThread &) = delete;
    tdThread &operator=(const tdThread &) = delete;

    // Starts a thread that runs Entry(). Throws tdException when the thread cannot be started.
    virtual void Create();
    virtual void *Entry() = 0;
    virtual void Terminate() { terminate = true; }

    // Waits for the thread started by Create(); does nothing when none runs.
    void Join();

    void Lock();
    void Unlock();

    bool ShouldTerminate() const { return terminate.load(); }
    const std::string &GetTag() const { return tag; }

protected:
    std::string tag;

private:
    // The stand-in's own view of where Entry() is, for hosts that must know when it is idle.
    friend class tdThreadWatch;

    void Run();

    std::atomic<bool> terminate{false};
    std::mutex thread_lock;
    std::thread thread;
    std::atomic<std::thread::id> runner{};
    std::atomic<uint64_t> own_locks{0};
    std::atomic<bool> ended{false};
};

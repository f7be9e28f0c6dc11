#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

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

    void Lock() { thread_lock.lock(); }
    void Unlock() { thread_lock.unlock(); }

    bool ShouldTerminate() const { return terminate.load(); }
    const std::string &GetTag() const { return tag; }

protected:
    std::string tag;

private:
    void Run();

    std::atomic<bool> terminate{false};
    std::mutex thread_lock;
    std::thread thread;
};

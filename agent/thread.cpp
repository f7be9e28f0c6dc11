#include "host/thread.hpp"

#include <cstring>
#include <system_error>

#include "host/exception.hpp"
#include "host/log.hpp"

tdThread::tdThread(const std::string &tag) : tag(tag) {}

tdThread::~tdThread()
{
    // Derived classes join in their own destructors; this is the last guard against a thread
    // outliving its object.
    terminate = true;
    Join();
}

void tdThread::Create()
{
    try {
        thread = std::thread([this]() { Run(); });
    } catch (const std::system_error &e) {
        throw tdException("%s: %s: %s", tag.c_str(), "pthread_create", strerror(e.code().value()));
    }
}

// An exception that leaves Entry() ends the thread, never the process.
void tdThread::Run()
{
    runner = std::this_thread::get_id();
    struct EndMark {
        std::atomic<bool> &ended;
        ~EndMark() { ended = true; }
    } end_mark{ended};
    try {
        Entry();
    } catch (const std::exception &e) {
        td_printf("%s: thread ended by exception: %s\n", tag.c_str(), e.what());
    } catch (const std::string &text) {
        td_printf("%s: thread ended by exception: %s\n", tag.c_str(), text.c_str());
    }
}

void tdThread::Join()
{
    if (thread.joinable())
        thread.join();
}

// Counted under the lock, so the count and the queue the lock guards change together.
void tdThread::Lock()
{
    thread_lock.lock();
    if (std::this_thread::get_id() == runner.load())
        own_locks++;
    else
        own_locks = 0;
}

void tdThread::Unlock() { thread_lock.unlock(); }

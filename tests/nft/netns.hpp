// Network namespaces for the kernel tests: every test makes its own, so nothing ever reaches
// the machine's own firewall, and tests can run side by side.
#pragma once

#include <string>

// Why the kernel tests cannot run here (not root, no network namespaces, no nf_tables), or ""
// when they can. Checked once per process.
std::string KernelUnavailable();

// Moves the calling thread into a fresh, unnamed network namespace; the destructor moves it
// back to the namespace it came from (the fresh one goes away with its last user).
class FreshNetns
{
public:
    FreshNetns();
    ~FreshNetns();
    FreshNetns(const FreshNetns &) = delete;
    FreshNetns &operator=(const FreshNetns &) = delete;

    // Empty when the thread is in the fresh namespace; otherwise why not.
    const std::string &Failure() const { return failure; }

private:
    int original = -1;
    std::string failure;
};

// A named namespace made with `ip netns add`, deleted again by the destructor.
class NamedNetns
{
public:
    explicit NamedNetns(const std::string &name);
    ~NamedNetns();
    NamedNetns(const NamedNetns &) = delete;
    NamedNetns &operator=(const NamedNetns &) = delete;

    const std::string name;
    bool Made() const { return made; }

private:
    bool made = false;
};

// Runs `body` with the calling thread in the named namespace, then moves it back; false when the
// namespace could not be entered or left.
template <class Body> bool InNetns(const std::string &name, Body body);

// Runs a shell command (in the calling thread's network namespace); its standard output and
// error together go to `output`. The exit status, or -1.
int Shell(const std::string &command, std::string *output = nullptr);

// Moves the calling thread into /run/netns/NAME (`name` empty: back to `fd`). Returns the
// descriptor of the namespace it left, or -1.
int EnterNamed(const std::string &name);
// Moves the calling thread into the namespace of `fd` and closes it; false on failure.
bool Return(int fd);

template <class Body> bool InNetns(const std::string &name, Body body)
{
    int previous = EnterNamed(name);
    if (previous == -1)
        return false;
    body();
    return Return(previous);
}

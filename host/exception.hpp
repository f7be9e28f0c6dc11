#pragma once

#include <exception>
#include <string>

// The host's exception for every configuration and run-time fault. Built printf-style; what()
// returns the formatted text.
class tdException : public std::exception
{
public:
    explicit tdException(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Defined in the library so that its type information exists once, there: a plug-in built
    // with hidden symbols and the host then agree on the type of what they throw and catch.
    ~tdException() override;

    const char *what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

#include "rules/exception_text.hpp"

#include <exception>

std::string tfaExceptionText()
{
    try {
        throw;
    } catch (const std::exception &e) {
        return e.what();
    } catch (const std::string &text) {
        return text;
    } catch (...) {
        return "unknown exception";
    }
}

#include "rules/simple_criteria.hpp"

#include <cstring>
#include <iterator>
#include <string_view>

namespace
{
struct FieldName {
    const char *name;
    tfaSimpleCriteria::Field field;
};

const FieldName FIELDS[] = {
    {"local_ip", tfaSimpleCriteria::LOCAL_IP},
    {"other_ip", tfaSimpleCriteria::OTHER_IP},
    {"local_port", tfaSimpleCriteria::LOCAL_PORT},
    {"other_port", tfaSimpleCriteria::OTHER_PORT},
    {"detected_protocol", tfaSimpleCriteria::DETECTED_PROTOCOL},
    {"detected_application", tfaSimpleCriteria::DETECTED_APPLICATION},
    {"host_server_name", tfaSimpleCriteria::HOST_SERVER_NAME},
    {"dns_host_name", tfaSimpleCriteria::DNS_HOST_NAME},
};

constexpr std::string_view EQUALS_TEXT = "==";
constexpr std::string_view MATCHES_TEXT = "=~";
// Escapes the parser decodes; any other backslash stays in the text with its character.
constexpr std::string_view DECODED_ESCAPES = "\\'\"nrtx";
constexpr char ESCAPE = '\\';

bool IsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool IsNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || c == '_';
}

// A quoted literal whose text is what it shows: no quote of its kind inside, and no escape the
// parser would decode.
bool Unquote(std::string_view text, std::string &literal)
{
    if (text.size() < 2 || (text.front() != '\'' && text.front() != '"') ||
        text.back() != text.front())
        return false;
    std::string_view inner = text.substr(1, text.size() - 2);
    if (inner.find(text.front()) != std::string_view::npos)
        return false;
    for (size_t at = inner.find(ESCAPE); at != std::string_view::npos;
         at = inner.find(ESCAPE, at + 2)) {
        if (at + 1 == inner.size() || DECODED_ESCAPES.find(inner[at + 1]) != std::string_view::npos)
            return false;
    }
    literal.assign(inner);
    return true;
}

// An unquoted literal is one word: an address, a network or a number.
bool IsWord(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (IsBlank(c) || c == '\'' || c == '"' || c == '(' || c == ')' || c == '[' || c == ']' ||
            c == ',' || c == '&' || c == '|' || c == '!' || c == '=' || c == '<' || c == '>')
            return false;
    }
    return true;
}
} // namespace

std::optional<tfaSimpleCriteria> tfaSimpleCriteria::Parse(const std::string &text)
{
    std::string_view rest = Trimmed(text);
    size_t name_end = 0;
    while (name_end < rest.size() && IsNameChar(rest[name_end]))
        name_end++;
    std::string_view name = rest.substr(0, name_end);
    const FieldName *known = nullptr;
    for (const auto &entry : FIELDS) {
        if (name == entry.name)
            known = &entry;
    }
    if (known == nullptr)
        return std::nullopt;

    rest = Trimmed(rest.substr(name_end));
    std::string_view op = rest.substr(0, EQUALS_TEXT.size());
    if (op != EQUALS_TEXT && op != MATCHES_TEXT)
        return std::nullopt;
    rest = Trimmed(rest.substr(op.size()));

    tfaSimpleCriteria simple{known->field, op == EQUALS_TEXT ? Operator::EQUALS : Operator::MATCHES,
                             std::string(), false};
    if (Unquote(rest, simple.literal))
        simple.quoted = true;
    else if (IsWord(rest))
        simple.literal.assign(rest);
    else
        return std::nullopt;
    return simple;
}

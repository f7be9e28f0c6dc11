#include "plugin/config_parser.hpp"

#include "host/exception.hpp"
#include "host/log.hpp"

#include <map>
#include <unordered_set>
#include <vector>

namespace
{
// Depth of the objects whose keys name actions and targets.
constexpr size_t SECTION_NAME_DEPTH = 2;

const char *SectionNoun(const std::string &section)
{
    static const std::map<std::string, const char *> named_sections = {
        {"actions", "action"},
        {"targets", "target"},
    };
    auto it = named_sections.find(section);
    return it == named_sections.end() ? nullptr : it->second;
}

// A SAX handler that keeps only the open containers: their keys and their place in the document.
class Checker : public nlohmann::json_sax<json>
{
public:
    Checker(const std::string &tag, const std::string &path) : tag(tag), path(path) {}

    bool null() override { return Value(); }
    bool boolean(bool) override { return Value(); }
    bool number_integer(number_integer_t) override { return Value(); }
    bool number_unsigned(number_unsigned_t) override { return Value(); }
    bool number_float(number_float_t, const string_t &) override { return Value(); }
    bool string(string_t &) override { return Value(); }
    bool binary(binary_t &) override { return Value(); }
    bool start_object(std::size_t) override { return Open(true); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }

    bool key(string_t &key) override
    {
        Frame &frame = frames.back();
        if (!frame.keys.insert(key).second) {
            const char *noun = frames.size() == SECTION_NAME_DEPTH ? SectionNoun(frame.name)
                                                                   : nullptr;
            if (noun != nullptr)
                throw tdException("%s: duplicate %s", key.c_str(), noun);
            Fail("duplicate key \"" + key + "\" in " + Where());
        }
        frame.key = key;
        return true;
    }

    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &e) override
    {
        td_dprintf("%s: %s: %s\n", tag.c_str(), path.c_str(), e.what());
        Fail("JSON parse error");
    }

private:
    struct Frame {
        bool object;
        std::string name;
        std::unordered_set<std::string> keys;
        std::string key;
        size_t index = 0;
    };

    bool Value()
    {
        if (!frames.empty() && !frames.back().object)
            frames.back().index++;
        return true;
    }

    bool Open(bool object)
    {
        if (frames.size() >= tfaConfigParser::NESTING_LIMIT)
            Fail("nested deeper than " + std::to_string(tfaConfigParser::NESTING_LIMIT) +
                 " levels at " + Where());
        std::string name;
        if (!frames.empty())
            name = frames.back().object ? frames.back().key : std::to_string(frames.back().index);
        frames.push_back({object, name, {}, {}, 0});
        return true;
    }

    bool Close()
    {
        frames.pop_back();
        return Value();
    }

    // The open containers as a JSON pointer ("/actions/a"), "/" for the top level.
    std::string Where() const
    {
        std::string where;
        for (size_t i = 1; i < frames.size(); i++)
            where += "/" + frames[i].name;
        return where.empty() ? "/" : where;
    }

    [[noreturn]] void Fail(const std::string &reason) const
    {
        throw tdException("%s: Error loading configuration: %s: %s", tag.c_str(), path.c_str(),
                          reason.c_str());
    }

    const std::string &tag;
    const std::string &path;
    std::vector<Frame> frames;
};
} // namespace

json tfaConfigParser::Parse(const std::string &tag, const std::string &path,
                            const std::string &text)
{
    Checker checker(tag, path);
    json::sax_parse(text, &checker, json::input_format_t::json, true, true);
    return json::parse(text, nullptr, true, true);
}

#include "tools/replay/dom_json.hpp"

#include <cstdint>

json tfaDomToJson(simdjson::dom::element value)
{
    using Type = simdjson::dom::element_type;
    switch (value.type()) {
    case Type::OBJECT: {
        json object = json::object();
        for (simdjson::dom::key_value_pair field : simdjson::dom::object(value))
            object[std::string(field.key)] = tfaDomToJson(field.value);
        return object;
    }
    case Type::ARRAY: {
        json array = json::array();
        for (simdjson::dom::element element : simdjson::dom::array(value))
            array.push_back(tfaDomToJson(element));
        return array;
    }
    case Type::STRING:
        return std::string(std::string_view(value));
    case Type::INT64: {
        int64_t number = int64_t(value);
        if (number >= 0)
            return static_cast<uint64_t>(number);
        return number;
    }
    case Type::UINT64:
        return uint64_t(value);
    case Type::DOUBLE:
        return double(value);
    case Type::BOOL:
        return bool(value);
    case Type::NULL_VALUE:
        break;
    }
    return nullptr;
}

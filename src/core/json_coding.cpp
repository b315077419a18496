#include "core/json_coding.hpp"

namespace corvel::json_coding {

void fail(std::string_view key, std::string_view expected) {
    throw nlohmann::json::type_error::create(
        302, "key \"" + std::string(key) + "\" must be " + std::string(expected), nullptr);
}

const nlohmann::json& member(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) fail(key, "in an object");
    const auto it = object.find(key);
    if (it == object.end()) {
        throw nlohmann::json::out_of_range::create(403, "key \"" + std::string(key) + "\" not found", nullptr);
    }
    return *it;
}

bool hasValue(const nlohmann::json& object, std::string_view key) {
    const auto it = object.find(key);
    return it != object.end() && !it->is_null();
}

double readDouble(const nlohmann::json& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_number()) fail(key, "a number");
    return value.get<double>();
}

std::int64_t readInt(const nlohmann::json& object, std::string_view key) {
    const auto& value = member(object, key);
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) fail(key, "a 64-bit integer");
        return static_cast<std::int64_t>(u);
    }
    if (!value.is_number_integer()) fail(key, "an integer");
    return value.get<std::int64_t>();
}

bool readBool(const nlohmann::json& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_boolean()) fail(key, "a boolean");
    return value.get<bool>();
}

std::string readString(const nlohmann::json& object, std::string_view key) {
    const auto& value = member(object, key);
    if (!value.is_string()) fail(key, "a string");
    return value.get<std::string>();
}

Uuid readUuid(const nlohmann::json& object, std::string_view key) {
    const auto uuid = Uuid::parse(readString(object, key));
    if (!uuid) fail(key, "a UUID");
    return *uuid;
}

}  // namespace corvel::json_coding

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/uuid.hpp"
#include "core/raw_enum.hpp"

// Strict readers and writers for the JSON form of the core records: each reader checks the
// JSON type first, so a boolean never becomes a number and a fraction never an integer.
namespace corvel::json_coding {

[[noreturn]] void fail(std::string_view key, std::string_view expected);

const nlohmann::json& member(const nlohmann::json& object, std::string_view key);
double readDouble(const nlohmann::json& object, std::string_view key);
std::int64_t readInt(const nlohmann::json& object, std::string_view key);
bool readBool(const nlohmann::json& object, std::string_view key);
std::string readString(const nlohmann::json& object, std::string_view key);
Uuid readUuid(const nlohmann::json& object, std::string_view key);
bool hasValue(const nlohmann::json& object, std::string_view key);

template <typename E>
E readEnum(const nlohmann::json& object, std::string_view key) {
    const auto value = fromRawValue<E>(readString(object, key));
    if (!value) fail(key, "a known raw value");
    return *value;
}

template <typename T>
void writeOptional(nlohmann::json& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}

}  // namespace corvel::json_coding

#include "voduvetools/install_manifest.hpp"

#include <limits>

#include <nlohmann/json.hpp>

#include "common/atomic_file.hpp"
#include "common/error.hpp"
#include "common/format.hpp"
#include "common/hashing.hpp"

namespace corvel::voduvetools {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Thrown inside decoding only; any decoding failure means "no manifest".
struct Undecodable {};

const json& member(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) throw Undecodable{};
    return *it;
}

std::string text(const json& object, const char* key) {
    const auto& value = member(object, key);
    if (!value.is_string()) throw Undecodable{};
    return value.get<std::string>();
}

bool flag(const json& object, const char* key) {
    const auto& value = member(object, key);
    if (!value.is_boolean()) throw Undecodable{};
    return value.get<bool>();
}

std::int64_t integer(const json& value) {
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw Undecodable{};
        }
        return static_cast<std::int64_t>(value.get<std::uint64_t>());
    }
    if (!value.is_number_integer()) throw Undecodable{};
    return value.get<std::int64_t>();
}

const json& array(const json& object, const char* key) {
    const auto& value = member(object, key);
    if (!value.is_array()) throw Undecodable{};
    return value;
}

std::optional<std::string> optionalText(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) throw Undecodable{};
    return it->get<std::string>();
}

std::optional<std::int64_t> optionalInteger(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return integer(*it);
}

InstalledFileRecord decodeFile(const json& object) {
    if (!object.is_object()) throw Undecodable{};
    return InstalledFileRecord{text(object, "toolID"),          text(object, "sourceFileName"),
                               text(object, "destinationPath"), text(object, "sourceSHA256"),
                               text(object, "installedSHA256"), flag(object, "preExisting"),
                               flag(object, "ownedByInstaller")};
}

InstalledActionRecord decodeAction(const json& object) {
    if (!object.is_object()) throw Undecodable{};
    return InstalledActionRecord{text(object, "toolID"),
                                 text(object, "commandID"),
                                 text(object, "scriptRelativePath"),
                                 optionalText(object, "shortcutDisplay"),
                                 optionalInteger(object, "modifierCode"),
                                 optionalInteger(object, "keyCode")};
}

json encodeFile(const InstalledFileRecord& record) {
    return json{{"toolID", record.toolID},
                {"sourceFileName", record.sourceFileName},
                {"destinationPath", record.destinationPath},
                {"sourceSHA256", record.sourceSHA256},
                {"installedSHA256", record.installedSHA256},
                {"preExisting", record.preExisting},
                {"ownedByInstaller", record.ownedByInstaller}};
}

json encodeAction(const InstalledActionRecord& record) {
    json object{{"toolID", record.toolID},
                {"commandID", record.commandID},
                {"scriptRelativePath", record.scriptRelativePath}};
    if (record.shortcutDisplay) object["shortcutDisplay"] = *record.shortcutDisplay;
    if (record.modifierCode) object["modifierCode"] = *record.modifierCode;
    if (record.keyCode) object["keyCode"] = *record.keyCode;
    return object;
}

}  // namespace

std::string InstallManifest::encoded() const {
    // json objects keep their keys in a sorted map, so every level comes out sorted.
    json fileList = json::array();
    for (const auto& record : files) fileList.push_back(encodeFile(record));
    json actionList = json::array();
    for (const auto& record : actions) actionList.push_back(encodeAction(record));
    const json document{{"product", product},
                        {"schemaVersion", schemaVersion},
                        {"appVersion", appVersion},
                        {"voduveResourcePath", voduveResourcePath},
                        {"installedAt", formatIso8601(installedAt)},
                        {"files", std::move(fileList)},
                        {"actions", std::move(actionList)}};
    try {
        return document.dump(2) + "\n";
    } catch (const json::exception&) {
        throw ErrorException(Error{kManifestEncodingErrorDomain, 1,
                                   "The install manifest could not be written: a path is not valid UTF-8."});
    }
}

std::optional<InstallManifest> InstallManifest::decoded(std::string_view input) {
    const json document = json::parse(input, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    try {
        InstallManifest manifest;
        manifest.product = text(document, "product");
        manifest.schemaVersion = integer(member(document, "schemaVersion"));
        manifest.appVersion = text(document, "appVersion");
        manifest.voduveResourcePath = text(document, "voduveResourcePath");
        const auto installedAt = parseIso8601(text(document, "installedAt"));
        if (!installedAt) return std::nullopt;
        manifest.installedAt = *installedAt;
        for (const auto& record : array(document, "files")) manifest.files.push_back(decodeFile(record));
        for (const auto& record : array(document, "actions")) manifest.actions.push_back(decodeAction(record));
        return manifest;
    } catch (const Undecodable&) {
        return std::nullopt;
    }
}

std::optional<InstallManifest> InstallManifest::read(const fs::path& file) {
    try {
        const auto bytes = readFileBytes(file, kManifestSizeLimit);
        return decoded(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const ErrorException&) {
        return std::nullopt;
    }
}

void InstallManifest::write(const fs::path& file) const { writeFileAtomically(file, encoded()); }

fs::path InstallManifest::defaultLocation(const platform::UserFolders& folders) {
    return folders.applicationSupport() / kManifestFileName;
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::InstalledFileRecord>::operator()(
    const corvel::voduvetools::InstalledFileRecord& record) const noexcept {
    return corvel::hashFields(record.toolID, record.sourceFileName, record.destinationPath, record.sourceSHA256,
                              record.installedSHA256, record.preExisting, record.ownedByInstaller);
}

std::size_t std::hash<corvel::voduvetools::InstalledActionRecord>::operator()(
    const corvel::voduvetools::InstalledActionRecord& record) const noexcept {
    return corvel::hashFields(record.toolID, record.commandID, record.scriptRelativePath, record.shortcutDisplay,
                              record.modifierCode, record.keyCode);
}

std::size_t std::hash<corvel::voduvetools::InstallManifest>::operator()(
    const corvel::voduvetools::InstallManifest& manifest) const noexcept {
    return corvel::hashFields(manifest.product, manifest.schemaVersion, manifest.appVersion,
                              manifest.voduveResourcePath, manifest.installedAt.time_since_epoch().count(),
                              manifest.files, manifest.actions);
}

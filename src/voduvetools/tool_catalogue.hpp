#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "voduvetools/voduve_shortcut.hpp"

namespace corvel::voduvetools {

// The marker extension's file, both among the application's resources and in VODUVE's
// UserPlugins folder.
inline constexpr const char* kCuewardenExtensionFileName = "voduve_CuewardenStop.so";
// The folder of VODUVE's Scripts folder that holds the installed scripts.
inline constexpr const char* kToolsFolderName = "Orvanta Corvel";

// One tool the application offers: the two VODUVE script tools and the standalone
// Beatloom. The catalogue is fixed; nothing in it changes at run time.
struct ToolComponent {
    // The raw values are the manifest's tool identifiers.
    enum class Kind { cuewarden, itemNotesVideo, beatloom };
    enum class Integration { voduve, standalone };

    Kind id = Kind::cuewarden;
    std::string displayName;
    std::string summary;
    Integration integration = Integration::voduve;
    std::optional<std::string> scriptResourceName;
    std::optional<std::string> scriptInstallFileName;  // inside Scripts/Orvanta Corvel
    std::optional<std::string> commandID;              // with its leading '_'
    std::optional<std::string> actionDescription;
    bool needsCuewardenPlugin = false;
    std::optional<VoduveShortcut> defaultShortcut;

    friend bool operator==(const ToolComponent&, const ToolComponent&) = default;

    // Cuewarden, Razo Zerur → Ozovi, Beatloom.
    static const std::vector<ToolComponent>& catalog();
    // The entries that live in VODUVE, in catalogue order.
    static const std::vector<ToolComponent>& voduveTools();
    static const ToolComponent& beatloomTool();
    // The first entry of this kind, or nothing.
    static const ToolComponent* find(Kind kind);
};

inline constexpr ToolComponent::Kind kAllToolKinds[] = {ToolComponent::Kind::cuewarden,
                                                        ToolComponent::Kind::itemNotesVideo,
                                                        ToolComponent::Kind::beatloom};

std::string_view rawValue(ToolComponent::Kind kind);
std::optional<ToolComponent::Kind> toolKindFromRawValue(std::string_view raw);

}  // namespace corvel::voduvetools

template <>
struct std::hash<corvel::voduvetools::ToolComponent> {
    std::size_t operator()(const corvel::voduvetools::ToolComponent& tool) const noexcept;
};

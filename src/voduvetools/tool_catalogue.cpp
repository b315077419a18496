#include "voduvetools/tool_catalogue.hpp"

#include "common/hashing.hpp"

namespace corvel::voduvetools {
namespace {

using Modifier = VoduveShortcut::Modifier;

VoduveShortcut shiftCommand(std::string_view letter) {
    return *VoduveShortcut::fromLetter(letter, {Modifier::shift, Modifier::command});
}

std::vector<ToolComponent> buildCatalog() {
    return {
        ToolComponent{
            ToolComponent::Kind::cuewarden,
            "Cuewarden",
            "Create numbered song regions and automatic !stop markers.",
            ToolComponent::Integration::voduve,
            "Orvanta_Cuewarden.lua",
            "Orvanta_Cuewarden.lua",
            "_RS9e6552a898cec51c2bf0f00ba021f27806f30171",
            "Custom: Orvanta VODUVE Corvel - Cuewarden",
            true,
            shiftCommand("R"),
        },
        ToolComponent{
            ToolComponent::Kind::itemNotesVideo,
            "Razo Zerur → Ozovi",
            "Show VODUVE Item Notes in the Video Window.",
            ToolComponent::Integration::voduve,
            "Orvanta_ItemNotesToVideo.lua",
            "Orvanta_ItemNotesToVideo.lua",
            "_RSb07f1a73447370286fe9143cb9c1a48646133742",
            "Custom: Orvanta VODUVE Corvel - Item Notes to Video",
            false,
            shiftCommand("V"),
        },
        ToolComponent{
            ToolComponent::Kind::beatloom,
            "Beatloom",
            "Analyze audio tempo directly in the app. No VODUVE required.",
            ToolComponent::Integration::standalone,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            std::nullopt,
            false,
            std::nullopt,
        },
    };
}

}  // namespace

const std::vector<ToolComponent>& ToolComponent::catalog() {
    static const std::vector<ToolComponent> catalog = buildCatalog();
    return catalog;
}

const std::vector<ToolComponent>& ToolComponent::voduveTools() {
    static const std::vector<ToolComponent> tools = [] {
        std::vector<ToolComponent> result;
        for (const auto& tool : catalog()) {
            if (tool.integration == Integration::voduve) result.push_back(tool);
        }
        return result;
    }();
    return tools;
}

const ToolComponent& ToolComponent::beatloomTool() {
    static const ToolComponent& tool = *find(Kind::beatloom);
    return tool;
}

const ToolComponent* ToolComponent::find(Kind kind) {
    for (const auto& tool : catalog()) {
        if (tool.id == kind) return &tool;
    }
    return nullptr;
}

std::string_view rawValue(ToolComponent::Kind kind) {
    switch (kind) {
        case ToolComponent::Kind::cuewarden: return "cuewarden";
        case ToolComponent::Kind::itemNotesVideo: return "itemNotesVideo";
        case ToolComponent::Kind::beatloom: return "beatloom";
    }
    return "";
}

std::optional<ToolComponent::Kind> toolKindFromRawValue(std::string_view raw) {
    for (auto kind : kAllToolKinds) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

}  // namespace corvel::voduvetools

std::size_t std::hash<corvel::voduvetools::ToolComponent>::operator()(
    const corvel::voduvetools::ToolComponent& tool) const noexcept {
    return corvel::hashFields(static_cast<int>(tool.id), tool.displayName, tool.summary,
                              static_cast<int>(tool.integration), tool.scriptResourceName,
                              tool.scriptInstallFileName, tool.commandID, tool.actionDescription,
                              tool.needsCuewardenPlugin, tool.defaultShortcut);
}

// The VODUVE keymap file: any text parses; registering an action in it gives a text in
// which the action is found again.

#include <cstdlib>
#include <string>

#include "voduvetools/keymap_document.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvel::voduvetools::VoduveKeymapDocument;
    const auto document = VoduveKeymapDocument::parse(std::string(reinterpret_cast<const char*>(data), size));
    const std::string updated =
        document.upsert("_RSfuzz", "Custom: Fuzz", "Orvanta Corvel/fuzz.lua", std::nullopt, true);
    const auto reparsed = VoduveKeymapDocument::parse(updated);
    bool found = false;
    for (const auto& action : reparsed.actions) found = found || VoduveKeymapDocument::sameCommand(action.commandID, "_RSfuzz");
    if (!found) std::abort();
    return 0;
}

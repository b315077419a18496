// The install manifest: any text decodes or is refused; a decoded manifest that can be
// written decodes back to itself.

#include <cstdlib>
#include <string_view>

#include "common/error.hpp"
#include "voduvetools/install_manifest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvel::voduvetools::InstallManifest;
    const auto manifest = InstallManifest::decoded(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!manifest) return 0;
    std::string written;
    try {
        written = manifest->encoded();
    } catch (const corvel::ErrorException&) {
        return 0;  // a text that is not UTF-8 can't be written
    }
    const auto again = InstallManifest::decoded(written);
    if (!again || !(*again == *manifest)) std::abort();
    return 0;
}

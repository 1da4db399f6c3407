// Arbitrary bytes as a configuration file: loading never fails, saving and loading again
// gives the same settings, and saving a saved file again changes nothing.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "settings/prefs_ini.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const Prefs loaded = ReadPrefs(content);
    const std::string saved = WritePrefs(content, loaded);
    if (!(ReadPrefs(saved) == loaded)) std::abort();
    if (WritePrefs(saved, loaded) != saved) std::abort();
    return 0;
}

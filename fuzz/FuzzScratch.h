// A private folder for one fuzz process (Prefix-XXXXXX under the temporary folder),
// removed with everything in it when the process ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class TFuzzScratch {
public:
    explicit TFuzzScratch(const char* Prefix)
    {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / (std::string(Prefix) + "-XXXXXX")).string();
        if (mkdtemp(tmpl.data())) FPath = tmpl;
    }
    ~TFuzzScratch()
    {
        std::error_code ec;
        if (!FPath.empty()) std::filesystem::remove_all(FPath, ec);
    }
    TFuzzScratch(const TFuzzScratch&) = delete;
    TFuzzScratch& operator=(const TFuzzScratch&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

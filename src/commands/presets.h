#pragma once
#include <optional>
#include <string>
#include <vector>

// The values a preset can give `create`; every field left empty was not set by the preset.
struct preset {
    std::vector<std::string> trackers;
    std::vector<std::string> webseeds;
    std::vector<std::string> exclude_patterns;
    std::vector<std::string> include_patterns;
    std::optional<bool> is_private;
    std::optional<bool> no_date;
    std::optional<std::string> source;
    std::optional<std::string> comment;
    std::optional<int> piece_length_exponent;
    std::optional<int> max_piece_length_exponent;
};

// The presets file when --presets names none: $XDG_CONFIG_HOME/quillet/presets.yaml, else
// ~/.config/quillet/presets.yaml.
std::string default_presets_path();

// Reads the preset NAME from FILE, laid out as mkbrr's preset files are (version: 1, a `default`
// map and a `presets` map), the preset's keys taking the place of the default's; with no NAME,
// the default alone. Keys it does not know are warned about (unless `quiet`). Nothing after one
// line on standard error: a file that cannot be read, is malformed (with line and column), or
// lacks the preset.
std::optional<preset> load_preset(const std::string &file, const std::string &name, bool quiet);

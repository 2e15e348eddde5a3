#include "commands/presets.h"

#include "common/console.h"
#include "common/terminal_text.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <yaml-cpp/yaml.h>

namespace {
// A value of the wrong kind is reported like malformed YAML, where it stands in the file.
struct preset_error {
    YAML::Mark mark;
    std::string what;
};

std::vector<std::string> string_list(const YAML::Node &node, const char *key) {
    if (node.IsScalar()) {
        return {node.as<std::string>()};
    }
    if (!node.IsSequence()) {
        throw preset_error{node.Mark(), std::string(key) + " must be a list of strings"};
    }
    std::vector<std::string> values;
    std::transform(node.begin(), node.end(), std::back_inserter(values),
                   [](const YAML::Node &item) { return item.as<std::string>(); });
    return values;
}

int exponent(const YAML::Node &node, const char *key) {
    const int value = node.as<int>();
    if (value < 14 || value > 28) {
        throw preset_error{node.Mark(),
                           std::string(key) +
                               " must be an exponent from 14 (16 KiB) to 28 (256 MiB)"};
    }
    return value;
}

// Takes one key of a preset map; false for a key this tool does not know.
bool take_key(const std::string &key, const YAML::Node &value, preset &into) {
    if (key == "trackers") {
        into.trackers = string_list(value, "trackers");
    } else if (key == "webseeds") {
        into.webseeds = string_list(value, "webseeds");
    } else if (key == "exclude_patterns") {
        into.exclude_patterns = string_list(value, "exclude_patterns");
    } else if (key == "include_patterns") {
        into.include_patterns = string_list(value, "include_patterns");
    } else if (key == "private") {
        into.is_private = value.as<bool>();
    } else if (key == "no_date") {
        into.no_date = value.as<bool>();
    } else if (key == "source") {
        into.source = value.as<std::string>();
    } else if (key == "comment") {
        into.comment = value.as<std::string>();
    } else if (key == "piece_length") {
        into.piece_length_exponent = exponent(value, "piece_length");
    } else if (key == "max_piece_length") {
        into.max_piece_length_exponent = exponent(value, "max_piece_length");
    } else {
        return false;
    }
    return true;
}

void take_map(const std::string &file, const YAML::Node &map, preset &into, bool quiet) {
    if (!map.IsMap()) {
        throw preset_error{map.Mark(), "a preset must be a map of keys"};
    }
    for (const auto &item : map) {
        const std::string key = item.first.as<std::string>();
        if (!take_key(key, item.second, into) && !quiet) {
            // A presets file may come from someone else: its key must not drive the terminal.
            say_err("%s:%d:%d: warning: unknown key '%s' ignored\n", file.c_str(),
                    item.first.Mark().line + 1, item.first.Mark().column + 1,
                    terminal_escaped(key).c_str());
        }
    }
}

preset read_preset(const std::string &file, const std::string &name, bool quiet) {
    const YAML::Node root = YAML::LoadFile(file);
    if (!root.IsMap()) {
        throw preset_error{root.Mark(), "expected a map with version, default and presets"};
    }
    if (const YAML::Node version = root["version"]; version && version.as<int>() != 1) {
        throw preset_error{version.Mark(), "only version 1 is known"};
    }
    preset chosen;
    if (const YAML::Node defaults = root["default"]) {
        take_map(file, defaults, chosen, quiet);
    }
    if (name.empty()) {
        return chosen;
    }
    const YAML::Node presets = root["presets"];
    const YAML::Node wanted = presets && presets.IsMap() ? presets[name] : YAML::Node();
    if (!wanted) {
        throw preset_error{root.Mark(), "no preset named '" + name + "'"};
    }
    take_map(file, wanted, chosen, quiet);
    return chosen;
}
} // namespace

std::string default_presets_path() {
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config != '\0') {
        return std::string(config) + "/quillet/presets.yaml";
    }
    const char *home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/quillet/presets.yaml";
}

std::optional<preset> load_preset(const std::string &file, const std::string &name, bool quiet) {
    try {
        return read_preset(file, name, quiet);
    } catch (const YAML::BadFile &) {
        report_failure("%s: could not read the presets file\n", file.c_str());
    } catch (const YAML::Exception &error) {
        report_failure("%s:%d:%d: malformed presets file: %s\n", file.c_str(), error.mark.line + 1,
                       error.mark.column + 1, terminal_escaped(error.msg).c_str());
    } catch (const preset_error &error) {
        report_failure("%s:%d:%d: %s\n", file.c_str(), error.mark.line + 1, error.mark.column + 1,
                       terminal_escaped(error.what).c_str());
    }
    return std::nullopt;
}

#include "support/walk_model.h"

#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace harness {

fd_guard::~fd_guard() {
    if (fd >= 0)
        close(fd);
}

std::vector<std::string> listing_at(int dirfd) {
    std::vector<std::string> names;
    int copy = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) {
        ADD_FAILURE() << "cannot reopen directory: " << std::strerror(errno);
        return names;
    }
    DIR *dir = fdopendir(copy);
    if (dir == nullptr) {
        close(copy);
        ADD_FAILURE() << "fdopendir: " << std::strerror(errno);
        return names;
    }
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

std::vector<std::string> listing(const std::string &path) {
    fd_guard fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd < 0) {
        ADD_FAILURE() << "cannot open directory " << path << ": " << std::strerror(errno);
        return {};
    }
    return listing_at(fd.fd);
}

namespace {

std::vector<std::string> split_components(const std::string &relative) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : relative) {
        if (c == '/') {
            if (!current.empty())
                parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        parts.push_back(current);
    return parts;
}

class walk_model {
  public:
    walk_model(const std::string &input, const walk_rules &rules) : input_(input), rules_(rules) {
        if (!rules_.output.empty()) {
            struct stat st;
            if (stat(rules_.output.c_str(), &st) == 0) {
                skip_dev_ = st.st_dev;
                skip_ino_ = st.st_ino;
                skip_ = true;
            } else {
                ADD_FAILURE() << "output " << rules_.output << " not found for the model";
            }
        }
        fd_guard base(open(rules_.cwd.empty() ? "." : rules_.cwd.c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        fd_guard top(openat(base.fd, input.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (top.fd < 0) {
            ADD_FAILURE() << "model cannot open " << input << ": " << std::strerror(errno);
            return;
        }
        walk(top.fd, input, 0);
    }

    expected_walk result;

  private:
    void walk(int dirfd, const std::string &dir_path, int level) {
        // Every entry of the system's listing, "." and ".." included, in its order.
        std::vector<std::string> names;
        {
            int copy = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            DIR *dir = copy < 0 ? nullptr : fdopendir(copy);
            if (dir == nullptr) {
                ADD_FAILURE() << "model cannot list " << dir_path;
                return;
            }
            while (dirent *entry = readdir(dir))
                names.emplace_back(entry->d_name);
            closedir(dir);
        }
        if (rules_.sorted)
            std::sort(names.begin(), names.end()); // std::string compares bytes unsigned
        for (const auto &name : names) {
            std::string entry_path = dir_path;
            entry_path += '/';
            entry_path += name;
            if (rules_.left_out.count(entry_path.substr(input_.size() + 1)) != 0)
                continue;
            struct stat st;
            if (fstatat(dirfd, name.c_str(), &st, 0) != 0) {
                result.err += "could not stat file " + entry_path + "\n";
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                if (name == "." || name == "..")
                    continue;
                if (level >= deepest_walked_level)
                    return; // this entry and the rest of the directory are left out
                if (rules_.as_nobody && (st.st_mode & S_IROTH) == 0) {
                    result.out += "skipping directory " + entry_path + " (" +
                                  harness::error_text(EACCES) + ")\n";
                    continue;
                }
                fd_guard sub(openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                if (sub.fd < 0) {
                    result.out += "skipping directory " + entry_path + " (" +
                                  harness::error_text(errno) + ")\n";
                    continue;
                }
                walk(sub.fd, entry_path, level + 1);
            } else if (S_ISREG(st.st_mode)) {
                if (name[0] == '.' && !rules_.inclusive)
                    continue;
                if (skip_ && st.st_dev == skip_dev_ && st.st_ino == skip_ino_)
                    continue;
                result.out += "adding " + entry_path + "\n";
                if (rules_.as_nobody && (st.st_mode & S_IROTH) == 0) {
                    result.err += "could not open file " + entry_path + "\n";
                    continue;
                }
                expected_file file;
                file.entry_path = entry_path;
                file.components = split_components(entry_path.substr(input_.size() + 1));
                file.size = st.st_size;
                if (rules_.read_content)
                    file.content = read_at(dirfd, name);
                result.files.push_back(std::move(file));
            } else {
                result.out += "ignoring " + entry_path + " (no directory or regular file)\n";
            }
        }
    }

    static std::string read_at(int dirfd, const std::string &name) {
        fd_guard fd(openat(dirfd, name.c_str(), O_RDONLY | O_CLOEXEC));
        std::string bytes;
        if (fd.fd < 0) {
            ADD_FAILURE() << "model cannot read " << name;
            return bytes;
        }
        char buffer[65536];
        ssize_t n;
        while ((n = read(fd.fd, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<std::size_t>(n));
        return bytes;
    }

    std::string input_;
    walk_rules rules_;
    bool skip_ = false;
    dev_t skip_dev_ = 0;
    ino_t skip_ino_ = 0;
};

std::string file_entry(std::int64_t size, const std::vector<std::string> &components) {
    std::string text = "d6:lengthi" + std::to_string(size) + "e4:pathl";
    for (const auto &c : components)
        text += bstr(c);
    return text + "ee";
}

} // namespace

expected_walk model_walk(const std::string &input, const walk_rules &rules) {
    return walk_model(input, rules).result;
}

std::string concatenated(const std::vector<expected_file> &files) {
    std::string all;
    for (const auto &f : files)
        all += f.content;
    return all;
}

std::string expected_file_list(const std::vector<expected_file> &files) {
    std::string text = "5:filesl";
    for (const auto &f : files)
        text += file_entry(f.size, f.components);
    return text + "e";
}

std::string expected_directory_torrent(const directory_torrent &t) {
    std::string doc = "d8:announce" + bstr(t.announce_url);
    if (t.has_comment)
        doc += "7:comment" + bstr(t.comment);
    doc += "13:creation datei0e4:infod" + expected_file_list(t.files);
    doc += "4:name" + bstr(t.name) + "12:piece lengthi" + std::to_string(t.piece_length) + "e";
    if (!t.pieces.empty())
        doc += "6:pieces" + bstr(t.pieces);
    return doc + "ee";
}

} // namespace harness

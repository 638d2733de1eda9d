#include "lvm_filter.hpp"

#include "common/unique_fd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace rfsdm
{

const char lvm_filter_marker[] = "# rfs-dmd: suspended devices, hidden from LVM's scan (generated)";

std::string lvm_literal_regex(const std::string &path)
{
    std::string rx = "^";
    for (char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '/' || c == '_' || c == '-' || c == ':' || c == '@' || c == '%' ||
                     c == ',' || c == '=';
        if (plain)
            rx += c;
        else if (c == ']' || c == '\\' || c == '"' || c == '^' || c == '\n')
            rx += '.'; // cannot be written as a class safely; any character will do
        else
            rx += std::string("[") + c + "]";
    }
    return rx + "$";
}

std::string lvm_filter_conf(const std::string &existing, const std::vector<lvm_hidden_dev> &hidden)
{
    std::string out = existing;
    // Drop our earlier section: from the marker line to the end.
    if (size_t at = out.find(lvm_filter_marker); at != std::string::npos)
        out.erase(at);
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    if (hidden.empty())
        return out;
    std::ostringstream s;
    s << lvm_filter_marker << "\ndevices {\n\tglobal_filter = [";
    const char *sep = " ";
    for (const auto &d : hidden) {
        // The delimiter '|' never occurs in the expression: it is matched as a class.
        s << sep << "\"r|" << lvm_literal_regex("/dev/mapper/" + d.name) << "|\"";
        sep = ", ";
        if (d.loop_nr >= 0)
            s << sep << "\"r|" << lvm_literal_regex("/dev/loop" + std::to_string(d.loop_nr))
              << "|\"";
    }
    s << " ]\n}\n";
    return out + s.str();
}

namespace
{

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

bool lvm_filter_write(const std::string &path, const std::vector<lvm_hidden_dev> &hidden)
{
    std::string text = lvm_filter_conf(read_file(path), hidden);
    // An LVM command starting meanwhile reads either the old file or the new one.
    std::string tmp = path + ".rfs-dmd.tmp";
    unique_fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        return false;
    if (!write_all(fd.get(), text) || ::fsync(fd.get()) < 0 ||
        ::rename(tmp.c_str(), path.c_str()) < 0) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

} // namespace rfsdm

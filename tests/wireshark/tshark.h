#pragma once
// Runs tshark with the project's dissector over a capture and hands back the
// chosen fields frame by frame. tshark runs in a private folder (its own HOME
// and an empty global plugin folder, so no installed copy of the dissector
// or personal setting takes part) and, when the test is root, as nobody: a
// Lua script is not to run with root's rights.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef APUTIL_DISSECTOR
#error "APUTIL_DISSECTOR must name tools/wireshark/aputil.lua"
#endif

namespace aputil::test {

// One frame's fields: name -> every occurrence, in tree order.
using FieldValues = std::map<std::string, std::vector<std::string>>;

class Tshark {
public:
    Tshark() {
        char dir[] = "/tmp/aputil-tshark-XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        chmod(dir, 0755);
        mkdir((dir_ + "/plugins").c_str(), 0755);
        mkdir((dir_ + "/home").c_str(), 0777);
        ok_ = Copy(APUTIL_DISSECTOR, dir_ + "/aputil.lua");
    }
    ~Tshark() {
        if (!dir_.empty()) (void)std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    Tshark(const Tshark&) = delete;
    Tshark& operator=(const Tshark&) = delete;

    // Empty when tshark can run here; else why not.
    static std::string Missing() {
        if (std::system("command -v tshark >/dev/null 2>&1") != 0) return "tshark is not installed";
        if (getuid() == 0 && std::system("command -v setpriv >/dev/null 2>&1") != 0)
            return "setpriv is missing (tshark is not run as root)";
        return "";
    }

    bool ok() const { return ok_; }
    const std::string& errors() const { return errors_; }

    // Dissects capture and returns, per frame, the values of fields (frame.number is always read).
    bool Fields(const std::string& capture, const std::vector<std::string>& fields, std::vector<FieldValues>& rows) {
        rows.clear();
        if (!ok_ || !Copy(capture, dir_ + "/in.pcap")) {
            errors_ = "cannot prepare " + capture;
            return false;
        }
        std::string command = "cd '" + dir_ + "' && ";
        if (getuid() == 0) command += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        command += "env HOME='" + dir_ + "/home' WIRESHARK_PLUGIN_DIR='" + dir_ +
                   "/plugins' tshark -n -2 -X lua_script:aputil.lua -r in.pcap -T fields -E separator=/t "
                   "-E occurrence=a -E 'aggregator=|' -E quote=n -e frame.number";
        for (const std::string& f : fields) command += " -e " + f;
        command += " >out.txt 2>err.txt";
        const int status = std::system(command.c_str());
        errors_ = Read(dir_ + "/err.txt");
        if (status != 0) return false;
        std::istringstream out(Read(dir_ + "/out.txt"));
        std::string line;
        while (std::getline(out, line)) {
            std::vector<std::string> columns;
            size_t start = 0;
            for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
                columns.push_back(line.substr(start, tab - start));
            columns.push_back(line.substr(start));
            FieldValues row;
            for (size_t i = 0; i < columns.size() && i <= fields.size(); ++i) {
                const std::string& name = i == 0 ? std::string("frame.number") : fields[i - 1];
                row[name] = Split(columns[i]);
            }
            rows.push_back(std::move(row));
        }
        return true;
    }

private:
    static std::vector<std::string> Split(const std::string& value) {
        std::vector<std::string> parts;
        if (value.empty()) return parts;
        size_t start = 0;
        for (size_t sp; (sp = value.find('|', start)) != std::string::npos; start = sp + 1)
            parts.push_back(value.substr(start, sp - start));
        parts.push_back(value.substr(start));
        return parts;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static bool Copy(const std::string& from, const std::string& to) {
        std::ifstream in(from, std::ios::binary);
        if (!in) return false;
        std::ofstream out(to, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        out.close();
        chmod(to.c_str(), 0644);
        return static_cast<bool>(out);
    }

    std::string dir_;
    std::string errors_;
    bool ok_ = false;
};

}  // namespace aputil::test

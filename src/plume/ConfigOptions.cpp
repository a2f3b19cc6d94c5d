#include "ConfigOptions.h"

#include "Exception.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace Plume {

namespace {
std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}
}  // namespace

ObjPtr<ConfigOptions> ConfigOptions::newInstance(const std::string& name) { return makeObj<ConfigOptions>(name); }

void ConfigOptions::load(const std::string& path, int flags) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int e = errno;
        struct stat st;
        if (!(flags & LOAD_MUST_EXIST) && ::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
            sources_.push_back(path + " (missing)");
            return;
        }
        errno = e;
        throw CException(8, 3, "Cannot read configuration file %s", path.c_str());
    }
    sources_.push_back(path);
    std::string line;
    unsigned lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            plumelog_write("plumeconfig", 4,
                           path + ":" + std::to_string(lineNo) + ": line without '=' ignored");
            continue;
        }
        std::string key = trim(line.substr(0, eq));
        if (key.empty()) continue;
        values_[key] = Value{line.substr(eq + 1), path};
    }
    if (in.bad()) throw CException(8, 3, "Error reading configuration file %s", path.c_str());
}

void ConfigOptions::parseCommandLine(int argc, char** argv) {
    sources_.push_back("command line");
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!a || std::strncmp(a, "--", 2) != 0) continue;
        const char* eq = std::strchr(a + 2, '=');
        if (!eq || eq == a + 2) continue;
        values_[std::string(a + 2, eq)] = Value{std::string(eq + 1), "command line"};
    }
}

void ConfigOptions::set(const std::string& key, const std::string& value, const std::string& source) {
    values_[key] = Value{value, source};
}

bool ConfigOptions::has(const std::string& key) const { return values_.count(key) != 0; }

std::string ConfigOptions::sourcesText() const {
    if (sources_.empty()) return "no sources";
    std::string s;
    for (const auto& src : sources_) {
        if (!s.empty()) s += ", ";
        s += src;
    }
    return s;
}

const ConfigOptions::Value& ConfigOptions::require(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end())
        throw Exception(8, 3, "Configuration key [%s] of %s not found (looked in %s).", key.c_str(), name_.c_str(),
                        sourcesText().c_str());
    return it->second;
}

std::string ConfigOptions::getString(const std::string& key) const { return require(key).text; }

std::string ConfigOptions::getString(const std::string& key, const std::string& def) const {
    auto it = values_.find(key);
    return it == values_.end() ? def : it->second.text;
}

#define PLUME_BAD_VALUE(kind)                                                                              \
    throw Exception(8, 3, "Configuration key [%s] has invalid %s value [%s] (from %s).", key.c_str(), kind, \
                    v.text.c_str(), v.source.c_str())

bool ConfigOptions::getBool(const std::string& key) const {
    const Value& v = require(key);
    std::string t = trim(v.text);
    for (auto& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "true" || t == "yes" || t == "on" || t == "1") return true;
    if (t == "false" || t == "no" || t == "off" || t == "0") return false;
    PLUME_BAD_VALUE("boolean");
}

bool ConfigOptions::getBool(const std::string& key, bool def) const { return has(key) ? getBool(key) : def; }

int64_t ConfigOptions::getInt(const std::string& key) const {
    const Value& v = require(key);
    std::string t = trim(v.text);
    char* end = nullptr;
    errno = 0;
    long long r = std::strtoll(t.c_str(), &end, 0);
    if (t.empty() || *end || errno == ERANGE) PLUME_BAD_VALUE("integer");
    return r;
}

int64_t ConfigOptions::getInt(const std::string& key, int64_t def) const { return has(key) ? getInt(key) : def; }

uint64_t ConfigOptions::getUInt(const std::string& key) const {
    const Value& v = require(key);
    std::string t = trim(v.text);
    char* end = nullptr;
    errno = 0;
    if (t.empty() || t[0] == '-') PLUME_BAD_VALUE("unsigned integer");
    unsigned long long r = std::strtoull(t.c_str(), &end, 0);
    if (*end || errno == ERANGE) PLUME_BAD_VALUE("unsigned integer");
    return r;
}

uint64_t ConfigOptions::getUInt(const std::string& key, uint64_t def) const { return has(key) ? getUInt(key) : def; }

double ConfigOptions::getDouble(const std::string& key) const {
    const Value& v = require(key);
    std::string t = trim(v.text);
    char* end = nullptr;
    errno = 0;
    double r = std::strtod(t.c_str(), &end);
    if (t.empty() || *end || errno == ERANGE || std::isnan(r)) PLUME_BAD_VALUE("number");
    return r;
}

double ConfigOptions::getDouble(const std::string& key, double def) const { return has(key) ? getDouble(key) : def; }

}  // namespace Plume

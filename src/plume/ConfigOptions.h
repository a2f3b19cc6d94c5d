// A set of configuration options: key=value files and --key=value arguments,
// read through typed getters.
//
// File format: one "key=value" per line. The key is the text before the first
// "=" without surrounding blanks; the value is everything after it, kept
// exactly (blanks and further "=" included) so that values round-trip. Blank
// lines and lines whose first non-blank character is "#" are ignored; a line
// without "=" is ignored with a warning. Later sources override earlier ones:
// files in load order, then the command line.
//
// Numeric and boolean getters ignore blanks around the value. Getters without a
// default throw Plume::Exception (category 8, level 3) naming the key and the
// sources searched; a value that does not parse throws naming key, value and
// source. Not thread-safe while loading; concurrent reads are safe.
#pragma once

#include "Object.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Plume {

class ConfigOptions : public virtual Object {
public:
    enum LoadFlags { LOAD_OPTIONAL = 0, LOAD_MUST_EXIST = 1 };

    static ObjPtr<ConfigOptions> newInstance(const std::string& name);
    explicit ConfigOptions(std::string name) : name_(std::move(name)) {}

    // Loads a file. With LOAD_OPTIONAL (0) a missing file is skipped; any other
    // read failure, or a missing file with LOAD_MUST_EXIST, throws CException.
    void load(const std::string& path, int flags = LOAD_OPTIONAL);
    // Takes every "--key=value" argument (argv[0] is skipped); others are ignored.
    void parseCommandLine(int argc, char** argv);
    void set(const std::string& key, const std::string& value, const std::string& source = "program");

    bool has(const std::string& key) const;
    std::string getString(const std::string& key) const;
    std::string getString(const std::string& key, const std::string& def) const;
    bool getBool(const std::string& key) const;
    bool getBool(const std::string& key, bool def) const;
    int64_t getInt(const std::string& key) const;
    int64_t getInt(const std::string& key, int64_t def) const;
    uint64_t getUInt(const std::string& key) const;
    uint64_t getUInt(const std::string& key, uint64_t def) const;
    double getDouble(const std::string& key) const;
    double getDouble(const std::string& key, double def) const;

    const std::string& getName() const { return name_; }

private:
    struct Value {
        std::string text;
        std::string source;
    };
    const Value& require(const std::string& key) const;
    std::string sourcesText() const;

    std::string name_;
    std::map<std::string, Value> values_;
    std::vector<std::string> sources_;
};

}  // namespace Plume

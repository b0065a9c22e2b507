// The rows of the settings' table, and the checks of single values they name: for
// settings.cpp alone, which parses, prints and explains the settings from them.
// Immutable after their first use; any thread.
#pragma once

#include "app/settings.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace server {

using Member = std::variant<std::string Settings::*, int64_t Settings::*, bool Settings::*,
                            std::vector<std::string> Settings::*>;
// A check of a text's value: false with the reason in `why`.
using Check = bool (*)(const std::string& value, std::string& why);

// The groups of the configuration reference, in its order.
enum class Group { Listening, Tls, Store, Accounts, Status, Mail, Recovery, Log };

// When a changed value takes effect: at the next start, or the file it names is
// read again (on SIGHUP, every minute, for every request).
enum class Reload { Restart, Sighup, EveryMinute, EveryRequest };

struct Row {
    const char* name;       // the flag without "--", and the config file's key
    const char* value_name; // shown in the usage ("N", "PATH"); "" for a switch
    Member member;
    const char* default_text; // as it would be written on the command line
    int64_t min;              // whole numbers only
    int64_t max;
    Check check; // texts only; nullptr: any text
    std::string help;
    Group group;
    Reload reload = Reload::Restart;
};

// Every setting, in the order the usage text and --print-config show them.
const std::vector<Row>& setting_rows();

} // namespace server

#include "app/settings_docs.h"

#include "app/settings_table.h"

#include <string_view>

namespace server {
namespace {

struct GroupText {
    Group group;
    const char* title;
    const char* about;
};

// In the reference's order.
const GroupText kGroups[] = {
    {Group::Listening, "Listening and connections",
     "Where the server listens, and what one connection and one address may hold."},
    {Group::Tls, "TLS", "HTTPS served by the server itself (the small-install option)."},
    {Group::Store, "Store and keys",
     "The database, and the keys that seal passwords and sign device cookies."},
    {Group::Accounts, "Sign-in and per-address budgets",
     "Challenges, locks, and what one client address may ask a minute or a day."},
    {Group::Status, "Status record and client updates",
     "The record every client reads at start-up, and the update file it downloads."},
    {Group::Mail, "Mail", "Verification codes and notices: the outbox, or an SMTP relay."},
    {Group::Recovery, "Password recovery", "The recovery pages and the links mailed to users."},
    {Group::Log, "Log", "What the server writes on stderr."},
};

std::string type_of(const Row& row) {
    switch (row.member.index()) {
    case 1:
        return "whole number";
    case 2:
        return "switch";
    case 3:
        return "list";
    default:
        return *row.value_name ? row.value_name : "text";
    }
}

std::string range_of(const Row& row) {
    if (row.member.index() != 1)
        return "";
    return std::to_string(row.min) + " to " + std::to_string(row.max);
}

const char* effect_of(Reload reload) {
    switch (reload) {
    case Reload::Sighup:
        return "its file read again on SIGHUP";
    case Reload::EveryMinute:
        return "its file read again every minute";
    case Reload::EveryRequest:
        return "its file read for every request";
    default:
        return "at the next start";
    }
}

// The help text as one line (its line breaks are the usage text's).
std::string one_line(const std::string& help) {
    std::string out;
    for (char c : help)
        out += c == '\n' ? ' ' : c;
    return out;
}

// Markdown table cells: a '|' would end the cell.
std::string cell(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

// roff text: a backslash doubled, a leading '.' or '\'' kept from being a request,
// '-' as the minus of options.
std::string roff(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else if ((c == '.' || c == '\'') && (i == 0 || text[i - 1] == '\n'))
            out += std::string("\\&") + c;
        else
            out += c;
    }
    return out;
}

} // namespace

std::string configuration_markdown() {
    std::string out =
        "# Configuration reference\n\n"
        "Every setting is a flag (`--name VALUE`) and a key of the TOML file named by\n"
        "`--config` (`name = VALUE`); a flag wins over the file, the file over the default.\n"
        "`tarnix-server --print-config` prints the settings in force as such a file.\n"
        "This page is made from the server's settings table; do not edit it by hand.\n";
    for (const GroupText& g : kGroups) {
        out += std::string("\n## ") + g.title + "\n\n" + g.about + "\n\n";
        out += "| Setting | Type | Default | Range | A change takes effect | What it does |\n";
        out += "|---|---|---|---|---|---|\n";
        for (const Row& row : setting_rows()) {
            if (row.group != g.group)
                continue;
            const std::string def =
                *row.default_text && std::string_view(row.default_text) != "false"
                    ? "`" + std::string(row.default_text) + "`"
                    : std::string();
            out += "| `" + std::string(row.name) + "` | " + cell(type_of(row)) + " | " + cell(def) +
                   " | " + range_of(row) + " | " + effect_of(row.reload) + " | " +
                   cell(one_line(row.help)) + " |\n";
        }
    }
    return out;
}

std::string configuration_man_page() {
    std::string out = ".TH TARNIX-SERVER.TOML 5 \"\" \"tarnix-server\" \"File Formats\"\n"
                      ".SH NAME\n"
                      "tarnix-server.toml \\- settings of the Tarnix account server\n"
                      ".SH DESCRIPTION\n"
                      "The file named by\n"
                      ".B \\-\\-config\n"
                      "is TOML: one\n"
                      ".IB name \" = \" value\n"
                      "line a setting, text in double quotes, lists as\n"
                      ".RB [ \"\\(dqa\\(dq, \\(dqb\\(dq\" ].\n"
                      "Every key is also a flag,\n"
                      ".BI \\-\\- name\n"
                      ".IR value ;\n"
                      "a flag wins over the file, the file over the default.\n"
                      ".B tarnix\\-server \\-\\-print\\-config\n"
                      "prints the settings in force as such a file.\n"
                      "A changed value takes effect at the next start unless its entry says\n"
                      "otherwise.\n";
    for (const GroupText& g : kGroups) {
        out += std::string(".SH \"") + g.title + "\"\n" + roff(g.about) + "\n";
        for (const Row& row : setting_rows()) {
            if (row.group != g.group)
                continue;
            out += ".TP\n";
            if (*row.value_name)
                out += ".BI \"" + roff(row.name) + " = \" \"" + roff(row.value_name) + "\"\n";
            else
                out += ".BR " + roff(row.name) + " \" = true\"\n";
            out += roff(row.help) + "\n";
            std::string facts;
            if (*row.default_text && std::string_view(row.default_text) != "false")
                facts += "Default: " + roff(row.default_text) + ". ";
            if (!range_of(row).empty())
                facts += "From " + range_of(row) + ". ";
            if (row.reload != Reload::Restart)
                facts += std::string("Takes effect: ") + effect_of(row.reload) + ". ";
            if (!facts.empty()) {
                facts.pop_back();
                out += ".br\n" + facts + "\n";
            }
        }
    }
    out += ".SH SEE ALSO\n.BR tarnix\\-server (8)\n";
    return out;
}

} // namespace server

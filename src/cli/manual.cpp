// The man page's synopsis and the bash completion's commands and flags,
// written from the tables into their hand-written rest by the build
// (kestrane-cli --fill-in), so that neither can list a flag the tables do
// not have, or leave one out.
#include "cli/manual.h"

#include "cli/option_table.h"
#include <kestrane/version.h>

#include <cctype>
#include <string>

namespace cli {

// A line of the man page's source that the synopsis replaces.
static const char SYNOPSIS_HERE[] = ".\\\" @synopsis@";
// A line of the completion's source that each command's case replaces.
static const char OPTIONS_HERE[] = "# @options@";

static std::string replaced(std::string line, const std::string &token, const std::string &text)
{
    for (std::size_t at = line.find(token); at != std::string::npos; at = line.find(token, at + text.size()))
        line.replace(at, token.size(), text);
    return line;
}

// Words as a synopsis sets them: literal words ("gpio", "bin") bold, the
// user's (CHIP, FILE) italic, the rest as it is; '-' as roff's minus.
static std::string roff(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = i;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-'))
            ++end;
        if (end == i) {
            out += text[i++];
            continue;
        }
        std::string word;
        bool lower = false, upper = false;
        for (std::size_t c = i; c < end; ++c) {
            word += text[c] == '-' ? "\\-" : std::string(1, text[c]);
            lower = lower || std::islower(static_cast<unsigned char>(text[c]));
            upper = upper || std::isupper(static_cast<unsigned char>(text[c]));
        }
        out += lower ? "\\fB" + word + "\\fR" : upper ? "\\fI" + word + "\\fR" : word;
        i = end;
    }
    return out;
}

static std::string synopsis_item(const Flag &flag)
{
    std::string item = roff(flag.short_name != 0 ? std::string("-") + flag.short_name : std::string("--") + flag.name);
    // An unbreakable space between a flag and its value, and "\\&" so
    // that "..." at a line's end does not read as a sentence's.
    if (flag.argument == Argument::Required)
        item += "\\ " + roff(flag.shown);
    else if (flag.argument == Argument::Optional)
        item += roff(flag.shown);
    if (flag.repeatable)
        item += "...\\&";
    return flag.required ? item : "[" + item + "]";
}

static std::string synopsis()
{
    std::string text;
    for (const CommandTable &table : command_tables()) {
        text += std::string(".SY \"kestrane\\-cli ") + table.name + "\"\n";
        if (*operands_text(table.operands) != '\0')
            text += roff(operands_text(table.operands)) + "\n";
        for (const Flag &flag : table.flags)
            if (flag.name != nullptr)
                text += synopsis_item(flag) + "\n";
        text += ".YS\n";
    }
    return text;
}

// "--wait --wait=": a flag whose value is optional completes either way.
static std::string completion_words(const Flag &flag)
{
    std::string words = flag.short_name != 0 ? std::string("-") + flag.short_name + " " : "";
    words += std::string("--") + flag.name;
    if (flag.argument == Argument::Optional)
        words += std::string(" --") + flag.name + "=";
    return words;
}

static std::string completion_cases()
{
    std::string text;
    for (const CommandTable &table : command_tables()) {
        std::string words;
        for (const Flag &flag : table.flags)
            if (flag.name != nullptr)
                words += (words.empty() ? "" : " ") + completion_words(flag);
        text += std::string("        ") + table.name + ") options=\"" + words + "\" ;;\n";
    }
    return text;
}

static std::string command_names()
{
    std::string names;
    for (const CommandTable &table : command_tables())
        names += (names.empty() ? "" : " ") + std::string(table.name);
    return names;
}

bool fill_in(std::istream &in, std::ostream &out)
{
    std::string line;
    while (std::getline(in, line)) {
        if (line == SYNOPSIS_HERE)
            out << synopsis();
        else if (line == OPTIONS_HERE)
            out << completion_cases();
        else
            out << replaced(replaced(line, "@VERSION@", KESTRANE_RELEASE_STRING), "@COMMANDS@", command_names())
                << "\n";
    }
    out.flush();
    return !in.bad() && out.good();
}

}  // namespace cli

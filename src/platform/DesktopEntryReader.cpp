#include "DesktopEntryReader.h"

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// The entry format's string escapes, applied before Exec's own quoting.
std::string unescapeValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c != '\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const char next = value[++i];
        switch (next) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        default: out += next; break;
        }
    }
    return out;
}

void replacePercents(std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%')
            ++i;
    }
    text = out;
}

// The first argument of an Exec value: quoted with backslash escapes, or up to a space.
std::string firstArgument(std::string_view exec)
{
    const std::string_view value = trimmed(exec);
    std::string out;
    if (!value.empty() && value.front() == '"') {
        for (size_t i = 1; i < value.size(); ++i) {
            const char c = value[i];
            if (c == '"') {
                replacePercents(out);
                return out;
            }
            if (c == '\\' && i + 1 < value.size())
                out += value[++i];
            else
                out += c;
        }
        return {}; // no closing quote
    }
    out = std::string(value.substr(0, value.find(' ')));
    replacePercents(out);
    return out;
}

} // namespace

namespace DesktopEntryReader {

std::string programOfEntry(std::string_view entry)
{
    bool inMainGroup = false;
    std::string exec;
    bool hidden = false;
    size_t start = 0;
    while (start <= entry.size()) {
        size_t end = entry.find('\n', start);
        if (end == std::string_view::npos)
            end = entry.size();
        const std::string_view line = trimmed(entry.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup || (!line.empty() && line.front() == '#'))
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0)
            continue;
        const std::string_view key = trimmed(line.substr(0, eq));
        const std::string_view value = trimmed(line.substr(eq + 1));
        if (key == "Exec")
            exec = unescapeValue(value);
        else if (key == "Hidden")
            hidden = value == "true";
    }
    if (hidden || exec.empty())
        return {};
    // %-codes other than %% stand for files or URLs the launcher fills in.
    return firstArgument(exec);
}

} // namespace DesktopEntryReader

// Changing values in an INI file's text the way its operator would by hand:
// the line that holds the key gets the new value, or one line is added, and
// every other line stays byte for byte, comments, blank lines and order
// included.
//
// Lines are read as iniparser 4 reads them: names of sections and keys
// without regard to case and blanks around them; "[name]" alone on its line;
// "key = value" with the value bare up to a ";" or "#", or in double or
// single quotes; ";" and "#" lines are comments; a line ending in "\" goes
// on in the next line; a key given twice holds its last value.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class IniLines {
public:
    explicit IniLines(const std::string& text);

    // Gives `key` of `section` the value: in the line that holds it (the last
    // one, whose value the loader keeps), only the value changes, its quotes,
    // the key's spelling, indentation and a comment after it staying; a key
    // not there yet gets a line of its own after the section's last entry,
    // and a section not there yet is added at the end. False, with the text
    // as it was, when the result would not read back as exactly this key and
    // value: a control character, a value the loader would cut or strip, a
    // name that would end the header, a line too long for the loader.
    bool set(const std::string& section, const std::string& key, const std::string& value);

    std::string text() const;

private:
    // A line as the loader sees it: one or more lines of the file joined.
    struct Logical {
        size_t first, last;  // the file's lines it spans
        std::string text;    // without the line end
    };
    std::vector<Logical> logical_lines() const;
    bool replace_value(const Logical& line, const std::string& key, const std::string& value);
    bool insert_after(size_t anchor, const std::string& key, const std::string& value);
    bool append_section(const std::string& section, const std::string& key,
                        const std::string& value);
    // The line end of the file's line `index`, for a line added after it.
    std::string line_end_after(size_t index) const;

    std::vector<std::string> lines;  // each with its line end; the last may have none
};

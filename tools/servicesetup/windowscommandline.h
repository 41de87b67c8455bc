// Command lines as Windows programs read them (the C runtime's rules): splitting a text into
// words, quoting a word so that it reads back the same, and finding the /OPTIONS= value in the
// installer's own parameters. Anything these rules would read in a way nobody means (an
// unbalanced quote, a quote inside a value) is refused rather than guessed at.
#pragma once

#include <string>
#include <vector>

class WindowsCommandLine {
public:
    // The words of `text`; false with `error` for an unbalanced quote or a quote character
    // inside a word (no option value of the gateway holds one).
    static bool split(const std::string& text, std::vector<std::string>& words, std::string& error);

    // `word` as it must be written so that the C runtime reads it back unchanged: in quotes
    // when it is empty or holds a blank, backslashes doubled before a closing quote.
    static std::string quote(const std::string& word);

    // The words joined with blanks, each quoted as needed.
    static std::string join(const std::vector<std::string>& words);

    // The value of /OPTIONS= in the installer's parameters (empty when there is none):
    //   /OPTIONS=-a 192.0.2.10 -p 55010 /S        up to the next installer switch
    //   /OPTIONS="-a 192.0.2.10 -p 55010"          quotes around the whole value
    //   "/OPTIONS=-a 192.0.2.10 -L \"C:\x y\b.log\""   the whole parameter quoted by a program
    // False with `error` when the value is not closed.
    static bool installer_options(const std::string& parameters, std::string& options, std::string& error);
};

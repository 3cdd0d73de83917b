// Renders the read-me as plain text when the program is built, for Help in
// a terminal, where a pager shows it:
//   tavrel_readme_text ReadMe.htm ReadMe.txt
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/readme_text/html_text.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: tavrel_readme_text PAGE.htm TEXT.txt\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream page;
    page << in.rdbuf();
    if (!in) {
        std::fprintf(stderr, "tavrel_readme_text: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::string text = tavrel::htmlToText(page.str());
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "tavrel_readme_text: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

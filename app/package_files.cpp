// Writes the files the Linux package ships that the program itself makes:
// the built-in strings as "Strings.txt", and the service's unit for a
// program at a given path (the same unit the System page's Install writes).
//   tavrel_package_files strings OUT
//   tavrel_package_files unit PROGRAM OUT
#include <cstdio>
#include <string>

#include "app/service.h"
#include "platform/file.h"
#include "platform/service_manager.h"
#include "storage/strings.h"

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    std::string content;
    std::string out;
    if (what == "strings" && argc == 3) {
        content = tavrel::defaultStringsFile();
        out = argv[2];
    } else if (what == "unit" && argc == 4) {
        content = tavrel::platform::serviceUnitText(tavrel::platform::ServiceIdentity{
            tavrel::kServiceName, tavrel::kServiceDisplayName, tavrel::kServiceDescription, argv[2], "/x"});
        out = argv[3];
    } else {
        std::fputs("usage: tavrel_package_files strings OUT | unit PROGRAM OUT\n", stderr);
        return 2;
    }
    if (!tavrel::platform::writeFileReplacing(out, content, tavrel::platform::FileReaders::Everyone)) {
        std::fprintf(stderr, "tavrel_package_files: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

// The console's page, built into the program from tools/console/.
#pragma once

namespace console {
extern const char* const kIndexHtml;
extern const char* const kConsoleJs;
extern const char* const kConsoleCss;
}  // namespace console

// console/help.h: the text shown by the menu's "h" and by --help.
#pragma once

// The usage line of direct mode.
extern const char kUsageLine[];

// Usage, the note words, the presets and the commands; ends with a newline.
extern const char kHelpText[];

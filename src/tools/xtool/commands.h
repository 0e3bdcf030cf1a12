#pragma once

// The commands of xtool. Each takes its own words (argv[0] is the command name) and returns
// the exit status.

namespace xtool {

int cronCommand(int argc, char** argv);
int tokenCommand(int argc, char** argv);
int jsonCommand(int argc, char** argv);
int base64Command(int argc, char** argv);
int hexCommand(int argc, char** argv);
int msgCommand(int argc, char** argv);
int splitCommand(int argc, char** argv);
int scanCommand(int argc, char** argv);
int sysinfoCommand(int argc, char** argv);

}  // namespace xtool

#include "commands.h"
namespace callctl {
int callCommand(const Args&) { return 1; }
int answerCommand(const Args&) { return 1; }
int playCommand(const Args&) { return 1; }
int recordCommand(const Args&) { return 1; }
int tapeCommand(const Args&) { return 1; }
int showCommand(const Args&) { return 1; }
}

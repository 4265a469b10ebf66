#pragma once

// Thrown by a creation step that must end the program at once (after it has told the user
// why). Start-up destroys what it has created and ends with exitCode, showing nothing more.
struct ProgramHalt {
    int exitCode = 1;
};

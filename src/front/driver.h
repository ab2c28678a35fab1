// The run driver: the control flow of the whole process.
#ifndef QUILLFEN_FRONT_DRIVER_H_
#define QUILLFEN_FRONT_DRIVER_H_

// Runs the tool on the program's arguments and returns the number of sources
// converted, or 1 when the run ended early.  The help screen ends the process
// itself with status 0.
int run_quillfen(int argc, char** argv);

#endif  // QUILLFEN_FRONT_DRIVER_H_

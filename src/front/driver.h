// The run driver: the control flow of the whole process.
#ifndef QUILLFEN_FRONT_DRIVER_H_
#define QUILLFEN_FRONT_DRIVER_H_

// Runs the tool on the program's arguments and returns the number of sources
// converted, or 1 when the run ended early or something it was asked for was
// not done.  The help screen and the version end the process themselves with
// status 0.
int run_quillfen(int argc, char** argv);

#endif  // QUILLFEN_FRONT_DRIVER_H_

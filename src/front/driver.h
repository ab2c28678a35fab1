// The run driver: the control flow of the whole process.
#ifndef QUILLFEN_FRONT_DRIVER_H_
#define QUILLFEN_FRONT_DRIVER_H_

// Runs the tool on the program's arguments and returns the exit status (see
// run_status).  The help screen and the version end the process themselves
// with status 0.
int run_quillfen(int argc, char** argv);

#endif  // QUILLFEN_FRONT_DRIVER_H_

// The mirel-2 render host program. All of its logic lives in the ostrand library.
#include "mirel2/ostrand/startup.h"
#include "mirel2/ostrand/warmup.h"

int main(int argc, char** argv) { return velmora::ostrand::run_program(argc, argv, velmora::ostrand::run); }

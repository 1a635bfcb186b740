// ovn-utility: the desktop maintenance program for OVN USB photo printers.
#include "Application.h"

int main(int argc, char** argv) { return ovn::app::runProgram(argc, argv); }

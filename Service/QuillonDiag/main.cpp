// QuillonDiag.exe's entry (a console program).
#include "Service/QuillonDiag/DiagProgram.h"

int main(int argc, char** argv) { return QuillonDiagMain(argc, argv); }

#include "KinwardAgentMain.h"

int main(int argc, char** argv) { return tether::KinwardAgentMain::main(argc, argv); }

#include "ServiceMain.h"

int main(int argc, char** argv) {
  return tether::ServiceMain::run(argc, argv);
}

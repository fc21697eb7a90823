#include "app/startup.h"

int main(int argc, char** argv) {
  return kanade::RunProgram(argc, argv);
}

// quorvalex-apply: applies the patch "Amber Reaches update.dat" in the current folder.
#include "frontend/frontend.h"

int main() {
  run_patcher();
}

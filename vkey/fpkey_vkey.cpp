#include "vkey/vkey.h"

int main(int argc, char** argv) {
    return vkey::vkeyMain(argc, argv);
}

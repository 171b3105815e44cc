#include "app/VortanVpnService.h"

int main(int argc, char** argv) { return vortan::ServiceEntry(argc, argv); }

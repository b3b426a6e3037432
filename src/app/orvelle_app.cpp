#include "app/app.h"

int main(int argc, char** argv) { return orvelle::RunApplication(argc, argv); }

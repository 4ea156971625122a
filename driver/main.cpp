#include "driver/batch.hpp"

int main(int argc, char** argv) { return quorvel::runBatch(argc, argv); }

// Stand-in for the toolchain archiver: "ax -ts FILE" adds the archive symbol
// index to FILE with GNU ar (or $AR).
int main() { return 1; }  // placeholder

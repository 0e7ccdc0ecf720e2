/* A small module: a mixer with a few exported functions and variables. */
int mixer_volume = 80;
int mixer_channels[8];
static int clamp(int v) { return v < 0 ? 0 : v > 100 ? 100 : v; }

int mixer_set_volume(int v) {
  mixer_volume = clamp(v);
  return mixer_volume;
}

int mixer_get_volume(void) { return mixer_volume; }

/* A default that a board file may override. */
__attribute__((weak)) int mixer_board_gain(void) { return 1; }

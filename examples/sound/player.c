/* Another module's code, linked against the sound module's import library
   only: its references resolve into the import sections. */
extern int mixer_set_volume(int);
extern int mixer_volume;
int player_start(void) { return mixer_set_volume(50) + mixer_volume; }

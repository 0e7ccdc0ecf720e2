/* A second codec, kept in the archive under a long member name. */
int adpcm_step_size = 16;
int adpcm_decode(const unsigned char* in, int n) { return n > 0 ? in[0] * adpcm_step_size : 0; }

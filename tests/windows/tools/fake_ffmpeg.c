/* Stands in for ffmpeg.exe in the Windows tests of galaxy-render --video:
 * copies its standard input, the raw frames, into the file named by its last
 * argument, so the test can check every byte that went down the pipe. With
 * FAKE_FFMPEG_EXIT set it reads everything and then fails with that status. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    _setmode(_fileno(stdin), _O_BINARY);
    const char *fail = getenv("FAKE_FFMPEG_EXIT");
    FILE *out = fail ? NULL : fopen(argv[argc - 1], "wb");
    if (!fail && !out)
        return 3;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0)
        if (out && fwrite(buf, 1, n, out) != n)
            return 4;
    if (out && fclose(out) != 0)
        return 5;
    return fail ? atoi(fail) : 0;
}

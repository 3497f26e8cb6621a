// Prints a page's body text from setup's own page catalogue, for the release tools on the build
// machine: what the summary page promises is read from here, never from a second copy.
// usage: print_page PAGE_NUMBER
#include <stdio.h>
#include <stdlib.h>

#include "setup_pages.h"

int main(int argc, char **argv)
{
    int page = argc == 2 ? atoi(argv[1]) : -1;
    if (argc != 2 || page < PAGE_AGREEMENT || page > PAGE_MANUAL) {
        fprintf(stderr, "usage: print_page PAGE_NUMBER (0 to 3)\n");
        return 2;
    }
    fputs(kSetupPages[page].body, stdout);
    return 0;
}

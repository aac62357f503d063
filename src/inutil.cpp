#include <stdio.h>

int main()
{
    for (int i = 0; i < 80; i++)
        printf("Este sistema operativo si que es inutil\n\a");
    return 0;
}

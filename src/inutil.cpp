#include <cstdio>

int main()
{
    for (int i = 0; i < 80; i++)
        std::printf("Este sistema operativo si que es inutil\n\a");
    return 0;
}

// A C library's start-up and exit alone: built with the program's own settings, it does nothing else.
int main()
{
    return 0;
}

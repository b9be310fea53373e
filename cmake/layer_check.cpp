// The entry of a layer check: it only has to link.
int main()
{
    return 0;
}

#include "vdpk/PkgCli.hpp"

int main(int argc, char** argv)
{
    Vandrel::Linux::PkgCli cli;
    return cli.run(argc, argv);
}

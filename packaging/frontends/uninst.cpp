#include "frontend.h"

int main(int argc, char **argv)
{
    return vyr::frontend::Run(vyr::frontend::Action::Uninstall, argc, argv);
}

// The tarlim viewer. Everything happens in appMain; see app/app.h.
#include "app/app.h"

int main(int argc, char** argv)
{
    return appMain(argc, argv);
}

// korvalis-asi: the airspeed indicator. It takes no arguments and reads no environment.
#include "app/app.h"

int main() {
    korvalis::run_instrument();
}

#include "ZUVSAX2Parser.h"

#include "ZUVXMLWriter.h"

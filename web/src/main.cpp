#include "StaticFiles.h"

int main() { return qva_web::staticFiles().empty(); }

#include "app/orvanta_voduve_corvel_app.hpp"

int main(int argc, char** argv) { return corvel::app::OrvantaVoduveCorvelApp::main(argc, argv); }

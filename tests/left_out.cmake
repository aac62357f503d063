# Fails, naming the tests that configure left out for want of their tools.
message(FATAL_ERROR "Left out, for want of their tools: ${LEFT_OUT}\nInstall them with: bash scripts/install-prerequisites test")

// The whole runtime in one include.
#pragma once

#pragma once

void SleepMs(int ms);

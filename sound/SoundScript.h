#pragma once

class Louncher;

// Body of a sweep's sound thread: plays the effects in step with the sweep and ends it.
void soundScript(Louncher* louncher);

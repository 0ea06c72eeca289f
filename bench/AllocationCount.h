#pragma once

// What operator new has handed out and the sized deletes have not yet taken back. A delete
// without its size cannot be counted; unsizedDeletes says whether any happened.
long long allocatedBytes();
long long allocatedBlocks();
long long unsizedDeletes();

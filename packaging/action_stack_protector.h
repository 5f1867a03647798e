/* The custom action DLL's stack guard (action_stack_protector.c). */
#pragma once

/* Sets the guard, once, from the system's generator. Every exported action calls it first, from
   a function that the guard does not protect (no local array, no local whose address is taken),
   before it calls the protected rest. */
void SetStackGuardOnce(void);

/* The display backend's bytes inside the executable, so that the application runs without any
   file beside it: the window layer loads them from memory when no backend file is named.
   Pages of this section are never touched by a run that opens no window. */
__asm__(".section .rodata\n"
        ".global quevro_display_backend_image\n"
        ".balign 64\n"
        "quevro_display_backend_image:\n"
        ".incbin \"" QUEVRO_GTK_BACKEND_FILE "\"\n"
        ".global quevro_display_backend_image_end\n"
        "quevro_display_backend_image_end:\n"
        ".previous\n");

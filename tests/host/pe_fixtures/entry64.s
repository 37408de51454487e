# Smallest PE32+ program: returns 0.
    .text
    .globl start
start:
    xorl %eax, %eax
    ret

/* The PKCS#11 module REAL_MODULE names, each C_Login counted as a line in the file LOGINS names: the
   release test's token, where a PIN tried twice shows. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef unsigned long (*Login)(unsigned long session, unsigned long user, unsigned char *pin, unsigned long length);
static struct { unsigned char version[2]; void *calls[68]; } list;  /* PKCS#11 2.40's; C_Login is the 19th */
static Login login;

static unsigned long CountedLogin(unsigned long session, unsigned long user, unsigned char *pin, unsigned long length)
{
    FILE *f = fopen(getenv("LOGINS"), "a");
    if (f)
        fputs("C_Login\n", f), fclose(f);
    return login(session, user, pin, length);
}

unsigned long C_GetFunctionList(void **result)
{
    void *module = dlopen(getenv("REAL_MODULE"), RTLD_NOW), *real;
    unsigned long (*get)(void **) = module ? (unsigned long (*)(void **))dlsym(module, "C_GetFunctionList") : NULL;
    if (!get || get(&real))
        return 5; /* CKR_GENERAL_ERROR */
    memcpy(&list, real, sizeof list);
    login = (Login)list.calls[18];
    list.calls[18] = (void *)CountedLogin;
    *result = &list;
    return 0;
}

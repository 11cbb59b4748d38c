// NullableAttribute.cs - the attribute by which a C# 8 compiler reads which of the
// binding's types may be null, written by hand because mcs cannot write "string?"; with
// Roslyn, which reserves the name, an inert stand-in of the same shape.
using System;

#if __MonoCS__
// The annotations a C# 8 compiler writes for "string?" are written by hand, with the
// attribute type it would define in the assembly: a compiler reading the assembly
// recognises it by name. 1 is "not null", 2 "may be null"; an array of bytes annotates a
// type and then its element or type arguments in order.
namespace System.Runtime.CompilerServices
{
    [AttributeUsage(AttributeTargets.Class | AttributeTargets.Event | AttributeTargets.Field
                    | AttributeTargets.GenericParameter | AttributeTargets.Parameter
                    | AttributeTargets.Property | AttributeTargets.ReturnValue, Inherited = false)]
    internal sealed class NullableAttribute : Attribute
    {
        public readonly byte[] NullableFlags;

        public NullableAttribute(byte flag)
        {
            NullableFlags = new[] { flag };
        }

        public NullableAttribute(byte[] flags)
        {
            NullableFlags = flags;
        }
    }
}
#else
// Roslyn reserves the name above for itself (CS8335), so compiled from source by it the
// annotations land on this stand-in, which nothing reads: the API is then
// nullable-oblivious, as any file without "#nullable enable" is.
namespace QelZmq
{
    [AttributeUsage(AttributeTargets.All, Inherited = false)]
    internal sealed class NullableAttribute : Attribute
    {
        public NullableAttribute(byte flag) { }

        public NullableAttribute(byte[] flags) { }
    }
}
#endif

// NullableContextAttribute.cs - the attribute by which a C# 8 compiler reads the default
// nullability of a type's members (see NullableAttribute.cs for why it is written by
// hand); with Roslyn, an inert stand-in of the same shape.
using System;

#if __MonoCS__
// What a C# 8 compiler would define in the assembly: 1 makes every reference in the type's
// members "not null" unless a NullableAttribute says otherwise.
namespace System.Runtime.CompilerServices
{
    [AttributeUsage(AttributeTargets.Class | AttributeTargets.Delegate | AttributeTargets.Interface
                    | AttributeTargets.Method | AttributeTargets.Struct, Inherited = false)]
    internal sealed class NullableContextAttribute : Attribute
    {
        public readonly byte Flag;

        public NullableContextAttribute(byte flag)
        {
            Flag = flag;
        }
    }
}
#else
// Reserved by Roslyn like NullableAttribute: a stand-in that nothing reads.
namespace QelZmq
{
    [AttributeUsage(AttributeTargets.All, Inherited = false)]
    internal sealed class NullableContextAttribute : Attribute
    {
        public NullableContextAttribute(byte flag) { }
    }
}
#endif
